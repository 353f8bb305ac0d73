{{ config(event_time='week_start', tags=['calendar'],
          meta={'velk': {'lookback': 1, 'lookback_unit': 'week', 'lookahead': 1, 'lookahead_unit': 'week'}}) }}

select date_trunc('week', order_date) as week_start, sum(revenue) as revenue
from {{ ref('orders_daily') }}
group by 1
