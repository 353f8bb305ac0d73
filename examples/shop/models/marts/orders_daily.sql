{{ config(event_time='order_date', tags=['daily'], meta={'velk': {'lookback': 0, 'lookahead': 0}}) }}

select
    date_trunc('day', o.ordered_at) as order_date,
    count(*) as orders,
    sum(p.amount) as revenue
from {{ ref('stg_orders') }} o
left join {{ ref('stg_payments') }} p using (order_id)
group by 1
